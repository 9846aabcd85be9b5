#include "OrvelCommon/QxDBResultset.h"

namespace ORVEL {

// Out of line, so the class's type information lives in this library.
QxDBResultset::~QxDBResultset() = default;

}  // namespace ORVEL
