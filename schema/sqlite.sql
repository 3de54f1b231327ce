-- The module's tables for SQLite. The module creates no table and no
-- file; create the database once, for example:
--   sqlite3 zelvar.db < schema/sqlite.sql
--
-- Declared types matter: the module reads a column's type from its
-- declaration. Text columns are NVARCHAR(n), so a NULL reads as empty
-- text; date-times are DATETIME and hold local time text
-- YYYY-MM-DD HH:MM:SS; BOOLEAN holds 0 or 1.

PRAGMA journal_mode = WAL;

CREATE TABLE tblUser (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  sUsername NVARCHAR(64),
  sNick NVARCHAR(64),
  nSex INT,
  sFacePic NVARCHAR(4000),
  bLogined BOOLEAN,
  nLevel INT
);
CREATE INDEX tblUser_sUsername ON tblUser (sUsername);

CREATE TABLE tblFriend (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  nUserId INT,
  nFriendId INT
);
CREATE INDEX tblFriend_nUserId ON tblFriend (nUserId);
CREATE INDEX tblFriend_nFriendId ON tblFriend (nFriendId);

CREATE TABLE tblUserMsg (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  nUserId INT,
  sContent NVARCHAR(4000),
  tAddTime DATETIME,
  nRead INT,
  nFromUserId INT,
  nAll INT
);
CREATE INDEX tblUserMsg_nUserId_nRead ON tblUserMsg (nUserId, nRead);

CREATE TABLE tblFriendTradeHistory (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  nPlayUserId INT,
  nPlayedUserId INT,
  nPlayId INT,
  tTime DATETIME,
  tDuration INT
);
CREATE INDEX tblFriendTradeHistory_nPlayUserId_tTime ON tblFriendTradeHistory (nPlayUserId, tTime);
CREATE INDEX tblFriendTradeHistory_nPlayedUserId_tTime ON tblFriendTradeHistory (nPlayedUserId, tTime);

CREATE TABLE tblFriendTradeItem (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  sTradeName NVARCHAR(256),
  sTradeDesc NVARCHAR(1024),
  nPacificate INT,
  sTradeImage NVARCHAR(256),
  nHeadX DOUBLE,
  nHeadY DOUBLE
);

CREATE TABLE tblInviteRecord (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  nUserid INT,
  nGroup INT,
  sInviteCode NVARCHAR(256),
  sInvitedEmail NVARCHAR(256),
  nState INT,
  tAddtime DATETIME,
  nZoneId INT,
  sNote NVARCHAR(1024),
  nReply INT
);

CREATE TABLE tblUserGoods (
  nId INTEGER PRIMARY KEY AUTOINCREMENT,
  nType INT,
  nUserId INT,
  nGoodsId INT,
  tAddTime DATETIME,
  tDueTime DATETIME,
  nBuyDay INT,
  nLevel INT,
  nUsing INT,
  sHeadColor NVARCHAR(64)
);
CREATE INDEX tblUserGoods_nUserId_nGoodsId ON tblUserGoods (nUserId, nGoodsId);
CREATE INDEX tblUserGoods_nUserId_nType_tDueTime ON tblUserGoods (nUserId, nType, tDueTime);

-- Goods orders: each entry of a goods sending that carried the host's
-- order id, recorded in the transaction that granted it. A repeated order
-- grants only the entries not recorded here.
CREATE TABLE tblGoodsOrder (
  sOrderId NVARCHAR(64) NOT NULL,
  nEntry INT NOT NULL,
  nUserId INT NOT NULL,
  nGoodsId INT,
  nType INT,
  sAmount NVARCHAR(32),
  nAmount1 INT,
  nAmount2 INT,
  tAddTime DATETIME,
  PRIMARY KEY (sOrderId, nEntry)
);
CREATE INDEX tblGoodsOrder_nUserId ON tblGoodsOrder (nUserId);

-- Guard rows: a transaction that decides on rows it only read (a first
-- grant of goods, a trade or message under a friendship, the end of one)
-- raises the version of the row of what it decided on, so that two such
-- transactions on two nodes of a multi-primary cluster always write a row
-- in common and the cluster's conflict check keeps one of them from
-- committing. nKind 1: the goods of player nUserId (nOtherId 0); nKind 2:
-- the friendship of nUserId and nOtherId (the lower id first).
CREATE TABLE tblWriteGuard (
  nKind INT NOT NULL,
  nUserId INT NOT NULL,
  nOtherId INT NOT NULL,
  nVersion BIGINT NOT NULL,
  PRIMARY KEY (nKind, nUserId, nOtherId)
);
