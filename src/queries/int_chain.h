// The integer chain: values kept under unique 32-bit keys in a singly
// linked chain in ascending key order, with a search hint that makes runs
// of ascending lookups cost one step each and a cursor for walking the
// chain. The friend list keeps its friends' ids here by position between
// its two passes.
//
//   DataStruct<T>     the abstract interface (CopyFrom built on the rest)
//   ChainTemplate<T>  the chain itself
//   IntStruct         the chain of int values
//
// Every operation answers 1 for done and 0 for not done. Several take an
// extra integer that the chain ignores; callers pass 0.
//
// A container is not thread-safe: one thread at a time.
#ifndef ZELVAR_QUERIES_INT_CHAIN_H_
#define ZELVAR_QUERIES_INT_CHAIN_H_

#include <cstdint>

namespace zelvar::queries {

template <typename T>
class DataStruct {
 public:
  DataStruct() = default;
  DataStruct(const DataStruct&) = delete;
  DataStruct& operator=(const DataStruct&) = delete;
  virtual ~DataStruct() = default;

  // 1 when inserted; 0 when `key` is present already (nothing changes).
  virtual int Insert(int32_t key, const T* value, int32_t reserved) = 0;
  // 1 with the value stored through `value`; 0 when absent (`value` untouched).
  virtual int Find(int32_t key, T* value, int32_t reserved) = 0;
  // 1 when removed; 0 when absent.
  virtual int Remove(int32_t key, int32_t reserved) = 0;
  virtual int GetCount(int32_t reserved) = 0;
  // 1 when nodes were removed; 0 when already empty.
  virtual int RemoveAll() = 0;

  // Iteration: MoveFirst, then GetCurrent and MoveNext until MoveNext
  // answers 0 (it then leaves the cursor on the first node again). All
  // three answer 0 at once on an empty container.
  virtual int MoveFirst() = 0;
  // `key` may be null.
  virtual int GetCurrent(T* value, int32_t* key) = 0;
  virtual int MoveNext() = 0;

  // Inserts every key and value of `other` in key order; keys present here
  // keep their values. 0 for null or this container itself, else 1.
  // Moves `other`'s cursor, which ends on its first node.
  virtual int CopyFrom(DataStruct<T>* other);

  // Called on each value just before its node is freed; 0.
  virtual int ReleaseValue(T* value) = 0;
};

template <typename T>
int DataStruct<T>::CopyFrom(DataStruct<T>* other) {
  if (other == nullptr || other == this) return 0;
  if (other->MoveFirst() == 0) return 1;
  do {
    T value{};
    int32_t key = 0;
    other->GetCurrent(&value, &key);
    Insert(key, &value, 0);
  } while (other->MoveNext() != 0);
  return 1;
}

template <typename T>
struct ChainNode {
  int32_t key;
  T value;
  ChainNode* next;
};

// The chain owns its nodes. Invariants: keys strictly ascend along the
// chain; count_ is its length; while head_ is set, hint_ points at one of
// its nodes.
//
// The destructor frees the nodes with ChainTemplate's own ReleaseValue (a
// derived class is gone by then); a derived class whose values need
// releasing calls RemoveAll in its own destructor.
template <typename T>
class ChainTemplate : public DataStruct<T> {
 public:
  ChainTemplate() = default;
  ~ChainTemplate() override { RemoveAll(); }

  // Walks from the head, so filling with n ascending keys costs O(n^2)
  // steps; the new node becomes the hint unless it went in front.
  int Insert(int32_t key, const T* value, int32_t reserved) override;
  // Starts at the hint when the hint's key is not larger than `key`.
  int Find(int32_t key, T* value, int32_t reserved) override;
  int Remove(int32_t key, int32_t reserved) override;
  int GetCount(int32_t reserved) override { return count_; }
  int RemoveAll() override;

  int MoveFirst() override;
  int GetCurrent(T* value, int32_t* key) override;
  int MoveNext() override;

  int ReleaseValue(T* value) override { return 0; }

 private:
  using Node = ChainNode<T>;

  // Frees one node that is already unlinked.
  void Drop(Node* node) {
    this->ReleaseValue(&node->value);
    delete node;
  }

  Node* head_ = nullptr;
  Node* hint_ = nullptr;
  Node* cursor_ = nullptr;
  int32_t count_ = 0;
};

template <typename T>
int ChainTemplate<T>::Insert(int32_t key, const T* value, int32_t reserved) {
  if (head_ == nullptr) {
    head_ = new Node{key, *value, nullptr};
    hint_ = head_;
  } else if (key == head_->key) {
    return 0;
  } else if (key < head_->key) {
    head_ = new Node{key, *value, head_};
  } else {
    Node* before = head_;
    while (before->next != nullptr && before->next->key < key) before = before->next;
    if (before->next != nullptr && before->next->key == key) return 0;
    before->next = new Node{key, *value, before->next};
    hint_ = before->next;
  }
  ++count_;
  MoveFirst();
  return 1;
}

template <typename T>
int ChainTemplate<T>::Find(int32_t key, T* value, int32_t reserved) {
  if (head_ == nullptr) return 0;
  Node* node;
  if (hint_->key <= key) {
    node = hint_;
  } else {
    // The key lies before the hint: it can only be between head and hint.
    if (hint_ == head_) return 0;
    node = head_;
  }
  while (node != nullptr && node->key < key) node = node->next;
  if (node == nullptr || node->key != key) return 0;
  *value = node->value;
  hint_ = node;
  return 1;
}

template <typename T>
int ChainTemplate<T>::Remove(int32_t key, int32_t reserved) {
  if (head_ == nullptr || key < head_->key) return 0;
  if (key == head_->key) {
    Node* old = head_;
    head_ = old->next;
    hint_ = head_;
    Drop(old);
  } else {
    // Same start as Find; when starting at the head, the walk ends at the
    // hint at the latest, since the hint's key is not smaller than `key`.
    Node* before = hint_->key < key ? hint_ : head_;
    while (before->next != nullptr && before->next->key < key) before = before->next;
    Node* match = before->next;
    if (match == nullptr || match->key != key) return 0;
    before->next = match->next;
    Drop(match);
    hint_ = head_;
  }
  --count_;
  if (MoveFirst() == 0) cursor_ = nullptr;
  return 1;
}

template <typename T>
int ChainTemplate<T>::RemoveAll() {
  if (head_ == nullptr) return 0;
  for (int32_t i = 0; i < count_ && head_ != nullptr; ++i) {
    Node* old = head_;
    head_ = old->next;
    Drop(old);
  }
  head_ = nullptr;
  count_ = 0;
  // Nothing reads these while the chain is empty; cleared so that no
  // pointer to a freed node is left behind.
  hint_ = nullptr;
  cursor_ = nullptr;
  return 1;
}

template <typename T>
int ChainTemplate<T>::MoveFirst() {
  if (head_ == nullptr) return 0;
  cursor_ = head_;
  return 1;
}

template <typename T>
int ChainTemplate<T>::GetCurrent(T* value, int32_t* key) {
  if (head_ == nullptr) return 0;
  if (cursor_ == nullptr) cursor_ = head_;
  *value = cursor_->value;
  if (key != nullptr) *key = cursor_->key;
  return 1;
}

template <typename T>
int ChainTemplate<T>::MoveNext() {
  if (head_ == nullptr) return 0;
  if (cursor_ == nullptr || cursor_->next == nullptr) {
    cursor_ = head_;
    return 0;
  }
  cursor_ = cursor_->next;
  return 1;
}

class IntStruct final : public ChainTemplate<int> {
 public:
  int ReleaseValue(int* value) override { return 0; }
};

}  // namespace zelvar::queries

#endif  // ZELVAR_QUERIES_INT_CHAIN_H_
