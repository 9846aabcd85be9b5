// The signing side of the feed, used only by the publisher: Ed25519 key pairs
// (private key as PKCS#8 PEM, public key as 64 hexadecimal digits) and
// signatures.
#pragma once

#include <string>

namespace KiteFeed {

// Makes a new key pair. False when OpenSSL fails.
bool generateKeyPair(std::string* privatePem, std::string* publicHex);

// Signs message with the private key (PEM). Gives the raw 64-byte signature
// and the raw 32-byte public key. False on a key that is not Ed25519.
bool signMessage(const std::string& privatePem, const std::string& message, std::string* signature,
                 std::string* rawPublicKey);

}  // namespace KiteFeed
