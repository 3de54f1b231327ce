// The module's log lines and what they mean.
#include "tools/zelvar/ops/log_gloss.h"

namespace zelvar::ops {
namespace {

struct Gloss {
  const char* marker;  // a piece of text only this line holds
  const char* meaning;
};

// In the order they are tried: a line holding several markers takes the
// first.
constexpr Gloss kGlosses[] = {
    {"Enter Error nParamLen", "the request packet was empty; nothing was done"},
    {"帐号有问题 Account", "the account lookup carried no user name"},
    {"Account NULL", "the account lookup's user name was empty"},
    {"找不到 Run SQL", "no account has this user name"},
    {"4 == result 正确发回来", "the account was found and sent back"},
    {"4 != result 有问题", "the account's row lacks a field; the lookup failed"},
    {"kpm.GetInt(100", "the goods sending carried no entry count"},
    {"sendNum <= 0", "the goods sending's entry count was not positive"},
    {"GetCString(110", "the goods sending carried no account name"},
    {"AdoRstGetField(pRecord", "the receiving account's id could not be read"},
    {"有问题 SQL", "no account has the receiving user name; nothing was granted"},
    {"个数不对", "quota goods with an amount other than 1个, 2个 or 6个; that entry was skipped"},
    {"一个失败", "granting quota goods (count 1) failed; that entry was not granted"},
    {"两个失败", "granting quota goods (count 2) failed; that entry was not granted"},
    {"6个失败", "granting quota goods (count 6) failed; that entry was not granted"},
    {"成功添加了", "the goods reply was handed out (the reply's count says how many entries were granted)"},
    {"返回错误", "the request was answered with an error reply"},
};

}  // namespace

std::string GlossModuleLine(std::string_view line) {
  for (const Gloss& gloss : kGlosses) {
    if (line.find(gloss.marker) != std::string_view::npos) return gloss.meaning;
  }
  return "";
}

}  // namespace zelvar::ops
