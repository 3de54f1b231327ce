// Guard rows: a transaction whose decision rests on rows it only read
// (no goods row yet, so insert one; a friendship is there, so record the
// trade) also writes the guard row of what it decided on, so that two
// such transactions that could contradict each other always write one row
// in common.
//
// On one server the SERIALIZABLE isolation of every transaction already
// keeps them apart. A multi-primary cluster (MariaDB Galera) certifies a
// transaction at commit against the rows others wrote, not those it read:
// without a row in common, two first grants of the same goods on two
// nodes both see no row and both insert, and a trade on one node commits
// beside the end of its friendship on another. With the guard row, one of
// the two fails certification and runs again, seeing the other's work.
// The same goes for any engine that detects only write-write conflicts
// (snapshot isolation).
//
// The guard rows live in tblWriteGuard, one per key, each with a version
// that every guarded transaction raises. Thread-safe.
#ifndef ZELVAR_DB_WRITE_GUARD_H_
#define ZELVAR_DB_WRITE_GUARD_H_

#include <string>

#include "db/transaction.h"

namespace zelvar::db {

// What a guard row stands for (tblWriteGuard.nKind). Stored values: never
// renumber.
enum class GuardKind {
  // The goods of one player (nUserId; nOtherId 0): every grant, and every
  // change of goods rows or speak counters by the zelvar tool.
  kPlayerGoods = 1,
  // The friendship of two players (the lower id in nUserId): a message
  // or trade between them, and the end of their friendship.
  kFriendship = 2,
};

// Raises the version of the guard row of (`kind`, `user_id`, `other_id`)
// in `transaction`, adding the row when there is none; the two ids of a
// friendship in either order. Best written first in the transaction: the
// row's lock then orders competing transactions before they read. 0 when
// written; -1 with the statement's error text in `error_text` (may be
// null) when not, and then the transaction must roll back (a database set
// up before tblWriteGuard refuses it: 'zelvar migrate' adds the table).
int WriteGuard(Transaction& transaction, GuardKind kind, int user_id, int other_id,
               std::u16string* error_text);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_WRITE_GUARD_H_
