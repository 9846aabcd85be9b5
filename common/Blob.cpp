#include "OrvelCommon/Blob.h"

namespace ORVEL {

// Out of line, so the class's type information lives in this library.
Blob::~Blob() = default;

}  // namespace ORVEL
