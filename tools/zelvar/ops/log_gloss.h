// English glosses of the module's own log lines. The account and goods
// requests log to the host's logger in the maker's words, mostly Chinese
// and terse; support staff reading `zelvar -v` get what each line means
// beside it. Pure functions; safe on any thread.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_LOG_GLOSS_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_LOG_GLOSS_H_

#include <string>
#include <string_view>

namespace zelvar::ops {

// What a module log line means, in English, or empty for a line the
// module does not write.
std::string GlossModuleLine(std::string_view line);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_LOG_GLOSS_H_
