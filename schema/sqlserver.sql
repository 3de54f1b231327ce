-- The module's tables for Microsoft SQL Server (reached through Microsoft's
-- ODBC driver or FreeTDS). The module creates no table; run this once in
-- the database the connection string names (Initial Catalog), e.g.
--   sqlcmd -S HOST -d Brontal -i schema/sqlserver.sql
--
-- Text columns are nvarchar(n) with n at most 4000: the drivers describe
-- them as variable-length wide text, so a NULL reads as empty text, and
-- Chinese or emoji are stored whole (nvarchar(max) would be long text).
-- Date-times are datetime2(0), whole seconds; bLogined is a bit, read as
-- 0 or 1.

CREATE TABLE tblUser (
  nId int IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  sUsername nvarchar(64) NULL,
  sNick nvarchar(64) NULL,
  nSex int NULL,
  sFacePic nvarchar(4000) NULL,
  bLogined bit NULL,
  nLevel int NULL
);
CREATE INDEX tblUser_sUsername ON tblUser (sUsername);

CREATE TABLE tblFriend (
  nId int IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  nUserId int NULL,
  nFriendId int NULL
);
CREATE INDEX tblFriend_nUserId ON tblFriend (nUserId);
CREATE INDEX tblFriend_nFriendId ON tblFriend (nFriendId);

CREATE TABLE tblUserMsg (
  nId int IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  nUserId int NULL,
  sContent nvarchar(4000) NULL,
  tAddTime datetime2(0) NULL,
  nRead int NULL,
  nFromUserId int NULL,
  nAll int NULL
);
CREATE INDEX tblUserMsg_nUserId_nRead ON tblUserMsg (nUserId, nRead);

CREATE TABLE tblFriendTradeHistory (
  nId int IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  nPlayUserId int NULL,
  nPlayedUserId int NULL,
  nPlayId int NULL,
  tTime datetime2(0) NULL,
  tDuration int NULL
);
CREATE INDEX tblFriendTradeHistory_nPlayUserId_tTime ON tblFriendTradeHistory (nPlayUserId, tTime);
CREATE INDEX tblFriendTradeHistory_nPlayedUserId_tTime ON tblFriendTradeHistory (nPlayedUserId, tTime);

CREATE TABLE tblFriendTradeItem (
  nId int IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  sTradeName nvarchar(256) NULL,
  sTradeDesc nvarchar(1024) NULL,
  nPacificate int NULL,
  sTradeImage nvarchar(256) NULL,
  nHeadX float NULL,
  nHeadY float NULL
);

CREATE TABLE tblInviteRecord (
  nId int IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  nUserid int NULL,
  nGroup int NULL,
  sInviteCode nvarchar(256) NULL,
  sInvitedEmail nvarchar(256) NULL,
  nState int NULL,
  tAddtime datetime2(0) NULL,
  nZoneId int NULL,
  sNote nvarchar(1024) NULL,
  nReply int NULL
);

CREATE TABLE tblUserGoods (
  nId bigint IDENTITY(1, 1) NOT NULL PRIMARY KEY,
  nType int NULL,
  nUserId int NULL,
  nGoodsId int NULL,
  tAddTime datetime2(0) NULL,
  tDueTime datetime2(0) NULL,
  nBuyDay int NULL,
  nLevel int NULL,
  nUsing int NULL,
  sHeadColor nvarchar(64) NULL
);
CREATE INDEX tblUserGoods_nUserId_nGoodsId ON tblUserGoods (nUserId, nGoodsId);
CREATE INDEX tblUserGoods_nUserId_nType_tDueTime ON tblUserGoods (nUserId, nType, tDueTime);

-- Goods orders: each entry of a goods sending that carried the host's
-- order id, recorded in the transaction that granted it. A repeated order
-- grants only the entries not recorded here. The order id compares
-- exactly (a binary collation: "A1" and "a1" are two orders).
CREATE TABLE tblGoodsOrder (
  sOrderId nvarchar(64) COLLATE Latin1_General_100_BIN2 NOT NULL,
  nEntry int NOT NULL,
  nUserId int NOT NULL,
  nGoodsId int NULL,
  nType int NULL,
  sAmount nvarchar(32) NULL,
  nAmount1 int NULL,
  nAmount2 int NULL,
  tAddTime datetime2(0) NULL,
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
  nKind int NOT NULL,
  nUserId int NOT NULL,
  nOtherId int NOT NULL,
  nVersion bigint NOT NULL,
  PRIMARY KEY (nKind, nUserId, nOtherId)
);
