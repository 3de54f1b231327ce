// What people type for the module's lists: goods entries
// (GOODS:AMOUNT:TYPE[:A1:A2]) and invitation rows in a CSV file. Each
// parser checks everything before anything is sent, so a bad entry
// changes nothing.
//
// Pure functions; safe on any thread.
#ifndef ZELVAR_TOOLS_ZELVAR_INPUTS_H_
#define ZELVAR_TOOLS_ZELVAR_INPUTS_H_

#include <string>
#include <string_view>
#include <vector>

#include "codec/requests.h"

namespace zelvar::cli {

// GOODS:AMOUNT:TYPE[:A1:A2]. AMOUNT is one of the module's texts (7天,
// 30天, 永久 for time-limited goods; 1个, 2个, 6个 for quota goods of types
// 3000 to 3999) or its ASCII spelling (7d, 30d, forever; 1x, 2x, 6x). A1
// and A2 are the two amounts the reply sums, 0 or more. False with `error`
// saying what is wrong with the entry.
bool ParseGoodsEntry(std::string_view text, codec::GoodsEntry* entry, std::string* error);

// A CSV file (comma-separated, fields in double quotes where they hold
// commas, quotes or line breaks) whose first line names the columns:
// code, state, email, group, note, zone, reply (or the table's column
// names, sInviteCode and so on). code and email are required; numbers
// missing from a row are 0. False with `error` naming the line.
bool ParseInviteCsv(std::string_view content, std::vector<codec::Invitation>* rows,
                    std::string* error);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_INPUTS_H_
