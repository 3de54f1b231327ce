// The demo world that `zelvar init --demo` loads: a few dozen players with
// nicks and faces, friendships, trades, a catalogue of trade items, unread
// messages, owned goods and invitations, with times around the moment it
// is loaded, so that every command shows something at once.
#ifndef ZELVAR_TOOLS_ZELVAR_DEMO_WORLD_H_
#define ZELVAR_TOOLS_ZELVAR_DEMO_WORLD_H_

#include <cstdint>
#include <string>

namespace zelvar::cli {

struct DemoSummary {
  bool already_there = false;  // the demo's players were found; nothing added
  int players = 0, friendships = 0, trades = 0, items = 0, messages = 0, unread = 0, goods = 0,
      invitations = 0;
};

// The user name of the player the demo centres on.
inline constexpr const char* kDemoHero = "lina";

// Loads the demo world into the database in force (db/current_connection.h)
// in one transaction, its times counted from `now`.
// Nothing is added when its players are all there already; when only some
// are, the database was changed by hand and nothing is added either (false
// with `error` saying so).
bool LoadDemoWorld(int64_t now, DemoSummary* summary, std::string* error);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_DEMO_WORLD_H_
