-- The central administration database, SQLite dialect. Run once, in one transaction, by
-- createCentralDatabase (kfctl); a database that has any of these tables is refused.

-- Component rows: one current row (type 0 to 10) and at most one backup row (type + 100) per
-- component, hence the unique type. component_id is the rowid: the blob store reads and writes
-- the content by row with incremental blob I/O.
-- content must stay the LAST column: SQLite keeps a large value in overflow pages after the
-- columns before it, so reading the other columns of a row never walks through the content.
CREATE TABLE tb_kite_feed (
  type INTEGER NOT NULL UNIQUE,
  component_id INTEGER PRIMARY KEY AUTOINCREMENT,
  version TEXT,
  file_size INTEGER NOT NULL DEFAULT 0,
  file_name TEXT,
  update_time TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime')),
  apply_fail INTEGER NOT NULL DEFAULT 0,
  content BLOB
);

-- The upload counter of the installation: a single row, which the check keeps single.
CREATE TABLE tb_version_number (
  id INTEGER PRIMARY KEY DEFAULT 1 CHECK (id = 1),
  kf_uploads INTEGER NOT NULL DEFAULT 0
);

-- Events of the scanners; time_date is the scanner's local time as text.
CREATE TABLE tb_system_event (
  event_no INTEGER PRIMARY KEY AUTOINCREMENT,
  scanner_id INTEGER NOT NULL,
  time_date TEXT NOT NULL,
  event_id INTEGER NOT NULL,
  event_description TEXT
);
CREATE INDEX ix_system_event_time ON tb_system_event (time_date);

-- Settings shared by every scanner of the installation. The primary key keeps writers of
-- several processes from adding a second row for one setting.
CREATE TABLE tb_global_setting (
  section TEXT NOT NULL,
  "key" TEXT NOT NULL,
  value TEXT,
  file_name TEXT NOT NULL,
  PRIMARY KEY (section, "key", file_name)
);
