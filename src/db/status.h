// A Status is the outcome of an operation of the database layer: success,
// or a failure of one kind with the backend's description of it. The
// kinds are what callers act on: a statement failure leaves the connection
// sound, a retryable one (a serialization failure or deadlock) lets a
// transaction run again, and a link failure means the connection is broken
// and must not be pooled again. A link failure may also say that the
// server refused the statement before running any of it because it does
// not serve now (a cluster node that is not ready): another connection,
// to another server, may run it.
//
// The operations the handlers call turn a Status into the module's result
// codes and error texts; nothing inside the layer speaks in those codes.
//
// A Status is a value: it may be copied and moved freely. Distinct Status
// objects may be used on distinct threads at once.
#ifndef ZELVAR_DB_STATUS_H_
#define ZELVAR_DB_STATUS_H_

#include <string>
#include <utility>

namespace zelvar::db {

class Status {
 public:
  // Success.
  Status() noexcept = default;

  static Status OK() { return Status(); }
  // The statement failed; the connection is sound.
  static Status Statement(std::u16string text) { return Status(kStatement, std::move(text)); }
  // A serialization failure or deadlock: the transaction may be run again.
  static Status Retryable(std::u16string text) { return Status(kRetryable, std::move(text)); }
  // The link failed: the connection is broken.
  static Status Link(std::u16string text) { return Status(kLink, std::move(text)); }
  // The server refused the statement before running any of it and serves
  // no statement on this connection now (a cluster node not ready): a link
  // failure, after which the work may run again on another connection.
  static Status NotServing(std::u16string text) { return Status(kNotServing, std::move(text)); }

  bool ok() const { return code_ == kOk; }
  bool IsStatement() const { return code_ == kStatement; }
  bool IsRetryable() const { return code_ == kRetryable; }
  bool IsLink() const { return code_ == kLink || code_ == kNotServing; }
  bool IsNotServing() const { return code_ == kNotServing; }

  // The backend's description of a failure; empty on success.
  const std::u16string& text() const { return text_; }

 private:
  enum Code : unsigned char { kOk, kStatement, kRetryable, kLink, kNotServing };

  Status(Code code, std::u16string text) : code_(code), text_(std::move(text)) {}

  Code code_ = kOk;
  std::u16string text_;
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_STATUS_H_
