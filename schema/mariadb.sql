-- The module's tables for MariaDB (or MySQL), reached through MariaDB
-- Connector/ODBC. The module creates no table; load this once into the
-- database the connection string names:
--   mariadb DATABASE < schema/mariadb.sql
--
-- Texts are VARCHAR(n) in utf8mb4, so a NULL reads as empty text and emoji
-- fit; the binary collation without padding compares them exactly, as the
-- other backends do (a case- or accent-blind collation would let one user
-- name find another's row, and utf8mb4_bin, which pads with blanks, lets
-- "alice " find alice; on MySQL 8 use utf8mb4_0900_bin instead).
-- Date-times are DATETIME, whole seconds; bLogined is a BOOLEAN, read as
-- 0 or 1.

CREATE TABLE tblUser (
  nId INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  sUsername VARCHAR(64) NULL,
  sNick VARCHAR(64) NULL,
  nSex INT NULL,
  sFacePic VARCHAR(4000) NULL,
  bLogined BOOLEAN NULL,
  nLevel INT NULL,
  INDEX tblUser_sUsername (sUsername)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

CREATE TABLE tblFriend (
  nId INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  nUserId INT NULL,
  nFriendId INT NULL,
  INDEX tblFriend_nUserId (nUserId),
  INDEX tblFriend_nFriendId (nFriendId)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

CREATE TABLE tblUserMsg (
  nId INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  nUserId INT NULL,
  sContent VARCHAR(4000) NULL,
  tAddTime DATETIME NULL,
  nRead INT NULL,
  nFromUserId INT NULL,
  nAll INT NULL,
  INDEX tblUserMsg_nUserId_nRead (nUserId, nRead)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

CREATE TABLE tblFriendTradeHistory (
  nId INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  nPlayUserId INT NULL,
  nPlayedUserId INT NULL,
  nPlayId INT NULL,
  tTime DATETIME NULL,
  tDuration INT NULL,
  INDEX tblFriendTradeHistory_nPlayUserId_tTime (nPlayUserId, tTime),
  INDEX tblFriendTradeHistory_nPlayedUserId_tTime (nPlayedUserId, tTime)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

CREATE TABLE tblFriendTradeItem (
  nId INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  sTradeName VARCHAR(256) NULL,
  sTradeDesc VARCHAR(1024) NULL,
  nPacificate INT NULL,
  sTradeImage VARCHAR(256) NULL,
  nHeadX DOUBLE NULL,
  nHeadY DOUBLE NULL
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

CREATE TABLE tblInviteRecord (
  nId INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  nUserid INT NULL,
  nGroup INT NULL,
  sInviteCode VARCHAR(256) NULL,
  sInvitedEmail VARCHAR(256) NULL,
  nState INT NULL,
  tAddtime DATETIME NULL,
  nZoneId INT NULL,
  sNote VARCHAR(1024) NULL,
  nReply INT NULL
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

CREATE TABLE tblUserGoods (
  nId BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  nType INT NULL,
  nUserId INT NULL,
  nGoodsId INT NULL,
  tAddTime DATETIME NULL,
  tDueTime DATETIME NULL,
  nBuyDay INT NULL,
  nLevel INT NULL,
  nUsing INT NULL,
  sHeadColor VARCHAR(64) NULL,
  INDEX tblUserGoods_nUserId_nGoodsId (nUserId, nGoodsId),
  INDEX tblUserGoods_nUserId_nType_tDueTime (nUserId, nType, tDueTime)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

-- Goods orders: each entry of a goods sending that carried the host's
-- order id, recorded in the transaction that granted it. A repeated order
-- grants only the entries not recorded here.
CREATE TABLE tblGoodsOrder (
  sOrderId VARCHAR(64) NOT NULL,
  nEntry INT NOT NULL,
  nUserId INT NOT NULL,
  nGoodsId INT NULL,
  nType INT NULL,
  sAmount VARCHAR(32) NULL,
  nAmount1 INT NULL,
  nAmount2 INT NULL,
  tAddTime DATETIME NULL,
  PRIMARY KEY (sOrderId, nEntry),
  INDEX tblGoodsOrder_nUserId (nUserId)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;

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
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_nopad_bin;
