// The statement store on any script file: pieces are the file and statement names, each looked
// up in both dialects.
#include "FuzzSupport.h"
#include "OrvelCommon/QxDBScript.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> pieces = OrvelFuzz::pieces(data, size, 1);
  const std::string file = OrvelFuzz::scratch() + "/dbscript.conf";
  OrvelFuzz::writeFile(file, pieces[0]);
  if (!ORVEL::QxDBScript::init(file.c_str())) return 0;
  ORVEL::QxDBScript* store = ORVEL::QxDBScript::getInstance();
  OrvelFuzz::require(store != nullptr, "a loaded store exists");
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string& name = pieces[i];
    for (const char* dialect : {"sqlite", "postgresql"}) {
      std::string sql = "stale";
      if (!store->getScript(dialect, name.c_str(), sql))
        OrvelFuzz::require(sql.empty(), "a statement not found is empty");
    }
  }
  return 0;
}
