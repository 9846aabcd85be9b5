#include "OrvelCommon/QxDBStatement.h"

namespace ORVEL {

// Out of line, so the class's type information lives in this library.
QxDBStatement::~QxDBStatement() = default;

}  // namespace ORVEL
