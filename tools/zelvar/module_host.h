// ModuleHost: the zelvar tool's side of the module boundary. It loads
// libzelvar.so with dlopen, as a game server does, resolves the six exports
// with dlsym, hands the module a CTool and a connection string, and makes
// requests with packets built by the CKParam class.
//
// One ModuleHost per process; use it from one thread.
#ifndef ZELVAR_TOOLS_ZELVAR_MODULE_HOST_H_
#define ZELVAR_TOOLS_ZELVAR_MODULE_HOST_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "zelvar/zelvar.h"

namespace zelvar::cli {

// Where the module's log lines go: stderr (verbose), a file, or nowhere.
// The last lines are kept either way, so that a failure can be explained.
class ModuleLog {
 public:
  ModuleLog(bool verbose, const std::string& file);
  ~ModuleLog();
  ModuleLog(const ModuleLog&) = delete;
  ModuleLog& operator=(const ModuleLog&) = delete;

  // False with `error` set when the log file can't be opened.
  bool ok(std::string* error) const;
  CTool* tool() { return &tool_; }
  // The lines written since the last call, oldest first.
  std::vector<std::string> TakeLines();

 private:
  static void OnLine(void* context, int level, const char* line);

  bool verbose_;
  std::string file_path_;
  std::FILE* file_ = nullptr;
  std::vector<std::string> lines_;
  CTool tool_;
};

class ModuleHost {
 public:
  // Loads the module at `path`, or, when `path` is empty, the libzelvar.so
  // this tool was linked with (next to it in the build folder, or in the
  // installed lib folder). Null with `error` set when the file can't be
  // loaded or lacks an export.
  static std::unique_ptr<ModuleHost> Load(const std::string& path, std::string* error);
  ~ModuleHost();
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  // The file that was loaded.
  const std::string& path() const { return path_; }

  int OpenLog(CTool* tool);
  // 0 when the module could open the database and keeps the string.
  int OpenDatabase(const std::string& connection_string);

  // PutUserExtraDataFriend with the packet's image.
  int Put(int user_id, int data_id, CKParam& request);
  // GetUserExtraDataFriend; on 0 `reply` holds a copy of the reply image
  // (the module's buffer is given back at once).
  int Query(int user_id, unsigned kind, std::string* reply);
  // GetQueryExtraDataFriendRecord; `reply` as above (empty when the module
  // handed out nothing).
  int Record(int user_id, int data_id, CKParam& request, std::string* reply);

 private:
  using OpenLogFn = int (*)(intptr_t);
  using OpenDbFn = int (*)(char**);
  using PutFn = int (*)(int, int, char*, int);
  using QueryFn = int (*)(int, unsigned int, char**, int*);
  using RecordFn = int (*)(int, int, char*, int, char**, int*);
  using DeleteFn = void (*)(char*);

  ModuleHost() = default;
  std::string TakeReply(char* reply, int length);

  void* handle_ = nullptr;
  std::string path_;
  OpenLogFn open_log_ = nullptr;
  OpenDbFn open_db_ = nullptr;
  PutFn put_ = nullptr;
  QueryFn query_ = nullptr;
  RecordFn record_ = nullptr;
  DeleteFn delete_ = nullptr;
};

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_MODULE_HOST_H_
