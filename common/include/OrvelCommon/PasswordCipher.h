// Passwords kept in settings files and the central database are stored enciphered.
//
// Cipher: AES-256-GCM with a random 12-byte nonce per value. The key is 32 random bytes in the key
// file $ORVEL_HOME/config/orvel.key, created with mode 0600 on the first enciphering (whole or not
// at all: a second process creating it at the same moment takes the first one's key). A key file
// that others may access (group or other mode bits), that is not 32 bytes, or that is a link, is
// refused with a level-1 log line and never used or replaced.
//
// Stored form: "OKC1:" followed by the base64 text of nonce | cipher text | tag; the prefix is
// authenticated with it. Log lines never show a value or the key.
#pragma once

#include <cstddef>
#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

// The size of the caller's buffer for NewDecryptStr.
constexpr std::size_t kCipherBufferSize = 4096;
constexpr const char* kCipherKeyFileName = "orvel.key";
constexpr const char* kCipherTextPrefix = "OKC1:";
// The longest plain text whose stored form still fits into a kCipherBufferSize buffer.
constexpr std::size_t kCipherMaxPlainBytes = (kCipherBufferSize - 1 - 5) / 4 * 3 - 12 - 16;

// Turns the stored form in buffer (kCipherBufferSize bytes, terminated) into the plain text, in
// place. A value that does not decipher (empty, not a stored form, altered, another key, no usable
// key file) leaves "" in the buffer, logs at level 1 and gives false. Nothing is written beyond
// the buffer.
bool NewDecryptStr(char* buffer);

// Produces the stored form of plain in cipherText; false (cipherText empty) for a null text, a
// text longer than kCipherMaxPlainBytes, or no usable key.
bool NewEncryptStr(const char* plain, std::string& cipherText);

}  // namespace ORVEL

#pragma GCC visibility pop
