// The component blob store of the central database.
//
// Components that one scanner downloaded are uploaded here, with the previous
// copy kept as a backup row, so that the other scanners of the installation
// can take them and an administrator can roll back.
#pragma once

#include <string>
#include <vector>

#include "OrvelKF/QxUpdateCatalogue.h"

#pragma GCC visibility push(default)

namespace ORVEL {
class QxDBAgent;
}

// Results of the blob store.
enum OrvelErrC {
  ERRC_SUCCESS = 0,
  ERRC_DB_UP_TO_DATE = 1,  // the database holds this version or a newer one already
  ERRC_DB_FAILURE = 1003,
  ERRC_FILE_OPEN = 6006,
};

// One row of the central component table. A backup row has the type of its
// component plus 100.
struct _uiKFDataNoFile {
  int type;
  long update_time;  // seconds since 1970, read as local time
  char version[32];
  int file_size;
  char file_name[128];
  int apply_fail;
};

// An upload or fetch request: a row and the local file it comes from or goes to.
struct _uiKFData {
  int type;
  long update_time;
  char version[32];
  int file_size;
  char file_name[128];
  int apply_fail;
  char file_path[512];
};

// The central component rows: at most one current row (type 0 to 10) and one
// backup row (type + 100) per component. Every operation opens its own
// database agent; none throws.
//
// The scanners of an installation share the rows: an upload or a rollback is
// one transaction that reads the rows it changes inside it, after the changes
// of that type by other scanners (other processes, other machines) are done,
// and checks that each statement found the row it had to change; otherwise it
// fails and the rows stay as they were.
class KFBlobManager {
 public:
  // Uploads the file at file_path as the new current row of its type; the
  // current row becomes the backup and the old backup goes. One transaction:
  // on any failure the rows stay as they were. ERRC_DB_UP_TO_DATE when the
  // stored version is the same or newer.
  static OrvelErrC AddKFBlob(const _uiKFData& data);
  // Writes the content of the current row of data.type to file_path (a path
  // ending in a separator names a folder: the stored file name is appended,
  // and file_path is rewritten). file_size 0 takes the stored size. A failure
  // leaves no file behind and an earlier file of that name as it was; fetches
  // of one path by several processes at once do not disturb each other.
  static OrvelErrC GetKFBlob(_uiKFData& data);
  // Appends every row (current and backup) to rows.
  static OrvelErrC GetKFRows(std::vector<_uiKFDataNoFile>& rows);
  // Reads the installation's upload counter; a missing counter row is
  // created with number + 1, which number then holds.
  static bool GetKFUploadsNum(int& number);
  // Makes the backup row of type current again, in one transaction: 1 rolled
  // back (version receives the version now current), 0 no backup row, -1
  // failure (the rows stay as they were, version is left alone).
  static int RollbackKFBlob(int type, std::string& version);

  // Compares two version texts of a component: 1 when the second is newer,
  // 0 when they are equal, -1 when the first is newer, and -1 as well when
  // either text is null or the type is the spam incremental pattern.
  static int CmpVersion(QxUpdateType type, const char* first, const char* second);

 private:
  static OrvelErrC _removeKFRow(ORVEL::QxDBAgent& agent, int type, const char* version);
  static OrvelErrC _addKFBlob(ORVEL::QxDBAgent& agent, const _uiKFData& data);
};

#pragma GCC visibility pop
