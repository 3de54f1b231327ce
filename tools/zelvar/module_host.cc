// Loading the module and crossing its boundary.
#include "tools/zelvar/module_host.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <typeinfo>

#include "tools/zelvar/ops/log_gloss.h"
#include "tools/zelvar/text_util.h"

namespace zelvar::cli {
namespace {

// The file of the libzelvar.so this process was linked with: the one that
// defines CKParam's type information (its key function, the destructor,
// lives in the library, so the tool holds no copy of its own).
std::string LinkedModulePath() {
  Dl_info info{};
  if (dladdr(&typeid(CKParam), &info) == 0 || info.dli_fname == nullptr) return "";
  // Found through the run path $ORIGIN/../lib: show it without the "..".
  return std::filesystem::path(info.dli_fname).lexically_normal().string();
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int DlopenFlags(bool other_build) {
  int flags = RTLD_NOW | RTLD_LOCAL;
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZELVAR_NO_DEEPBIND 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(ZELVAR_NO_DEEPBIND)
  // Another build of the module must use its own CKParam and CTool, not the
  // ones of the library this tool was linked with (the sanitizers'
  // interceptors refuse this flag).
  if (other_build) flags |= RTLD_DEEPBIND;
#endif
  return flags;
}

}  // namespace

ModuleLog::ModuleLog(bool verbose, const std::string& file)
    : verbose_(verbose), file_path_(file), tool_(&ModuleLog::OnLine, this) {
  if (!file.empty()) file_ = std::fopen(file.c_str(), "ae");
}

ModuleLog::~ModuleLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ModuleLog::ok(std::string* error) const {
  if (!file_path_.empty() && file_ == nullptr) {
    *error = "cannot open the log file '" + file_path_ + "' (" + std::strerror(errno) +
             "); name a file in a folder you can write to";
    return false;
  }
  return true;
}

std::vector<std::string> ModuleLog::TakeLines() {
  std::vector<std::string> lines;
  lines.swap(lines_);
  return lines;
}

void ModuleLog::OnLine(void* context, int level, const char* line) {
  auto* log = static_cast<ModuleLog*>(context);
  if (log->lines_.size() < 1000) log->lines_.emplace_back(line);
  if (log->verbose_) {
    const std::string gloss = ops::GlossModuleLine(line);
    std::fprintf(stderr, "zelvar: module: %s%s\n", line, gloss.empty() ? "" : ("  [" + gloss + "]").c_str());
  }
  if (log->file_ != nullptr) {
    std::fprintf(log->file_, "%s [%d] %s\n", LocalTimeText(std::time(nullptr)).c_str(), level, line);
    std::fflush(log->file_);
  }
}

std::unique_ptr<ModuleHost> ModuleHost::Load(const std::string& path, std::string* error) {
  const std::string linked = LinkedModulePath();
  std::string file = path.empty() ? linked : path;
  if (file.empty()) {
    *error = "cannot tell where libzelvar.so is; name it with --module PATH";
    return nullptr;
  }
  if (!path.empty() && path.find('/') == std::string::npos) file = "./" + path;  // a file, not a search
  std::unique_ptr<ModuleHost> host(new ModuleHost);
  host->path_ = file;
  host->handle_ = dlopen(file.c_str(), DlopenFlags(!path.empty() && !SameFile(file, linked)));
  if (host->handle_ == nullptr) {
    const char* why = dlerror();
    *error = "cannot load the module '" + file + "': " + (why != nullptr ? why : "unknown reason") +
             "; check the path given to --module";
    return nullptr;
  }
  struct Export {
    const char* name;
    void** slot;
  };
  const Export exports[] = {
      {"OpenLog", reinterpret_cast<void**>(&host->open_log_)},
      {"OpenDBFriend", reinterpret_cast<void**>(&host->open_db_)},
      {"PutUserExtraDataFriend", reinterpret_cast<void**>(&host->put_)},
      {"GetUserExtraDataFriend", reinterpret_cast<void**>(&host->query_)},
      {"GetQueryExtraDataFriendRecord", reinterpret_cast<void**>(&host->record_)},
      {"MyDeletePtr", reinterpret_cast<void**>(&host->delete_)},
  };
  for (const Export& e : exports) {
    *e.slot = dlsym(host->handle_, e.name);
    if (*e.slot == nullptr) {
      *error = "'" + file + "' is not a Zelvar module: it does not export " + e.name +
               "; check the path given to --module";
      return nullptr;
    }
  }
  return host;
}

// The module stays loaded until the process ends, as in a game server:
// its connection pools live in static storage that is never torn down, so
// unloading it would strand their connections.
ModuleHost::~ModuleHost() {
  if (handle_ != nullptr && open_log_ != nullptr) open_log_(0);  // the CTool may die before the module
}

int ModuleHost::OpenLog(CTool* tool) { return open_log_(reinterpret_cast<intptr_t>(tool)); }

int ModuleHost::OpenDatabase(const std::string& connection_string) {
  std::string copy = connection_string;
  char* text = copy.data();
  return open_db_(&text);
}

int ModuleHost::Put(int user_id, int data_id, CKParam& request) {
  return put_(user_id, data_id, request.GetBufferPtr(), request.GetLength());
}

std::string ModuleHost::TakeReply(char* reply, int length) {
  std::string image;
  if (reply != nullptr && length > 0) image.assign(reply, static_cast<size_t>(length));
  delete_(reply);
  return image;
}

int ModuleHost::Query(int user_id, unsigned kind, std::string* reply) {
  char* buffer = nullptr;
  int length = 0;
  const int result = query_(user_id, kind, &buffer, &length);
  *reply = result == 0 ? TakeReply(buffer, length) : std::string();
  return result;
}

int ModuleHost::Record(int user_id, int data_id, CKParam& request, std::string* reply) {
  char* buffer = nullptr;
  int length = 0;
  const int result =
      record_(user_id, data_id, request.GetBufferPtr(), request.GetLength(), &buffer, &length);
  *reply = TakeReply(buffer, length);
  return result;
}

}  // namespace zelvar::cli
