// The feed's signed index on any bytes: the envelope, its signature check against a key, and the
// body and catalogue parsers. What parses writes out to text that parses to the same text again.
#include <string>

#include "FuzzSupport.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string why;
  KiteFeed::Envelope envelope;
  if (KiteFeed::parseEnvelope(bytes, &envelope, &why)) {
    KiteFeed::ed25519Verify(std::string(32, '\x5a'), envelope.body, envelope.signature);
    KiteFeed::Envelope again;
    OrvelFuzz::require(KiteFeed::parseEnvelope(KiteFeed::writeEnvelope(envelope), &again, &why),
                       "a written envelope parses");
    OrvelFuzz::require(again.body == envelope.body && again.keyId == envelope.keyId &&
                           again.signature == envelope.signature,
                       "a written envelope keeps its parts");
  }
  KiteFeed::Body body;
  if (KiteFeed::parseBody(bytes, &body, &why)) {
    const std::string text = KiteFeed::writeBody(body);
    KiteFeed::Body again;
    OrvelFuzz::require(KiteFeed::parseBody(text, &again, &why), "a written body parses");
    OrvelFuzz::require(KiteFeed::writeBody(again) == text, "a written body is stable");
  }
  KiteFeed::Catalog catalog;
  if (KiteFeed::parseCatalog(bytes, &catalog, &why)) {
    const std::string text = KiteFeed::writeCatalog(catalog);
    KiteFeed::Catalog again;
    OrvelFuzz::require(KiteFeed::parseCatalog(text, &again, &why), "a written catalogue parses");
    OrvelFuzz::require(KiteFeed::writeCatalog(again) == text, "a written catalogue is stable");
  }
  return 0;
}
