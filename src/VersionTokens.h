// Splitting of version texts, shared by the version functions of the library.
#pragma once

#include <string>
#include <vector>

// Splits at most the first 63 characters of a version text at any of the
// separators; empty parts are dropped ("8..1" has two parts). Null gives none.
std::vector<std::string> kfSplitVersion(const char* version, const char* separators);

// Brings an engine version text to "%d.%03d.%04d" of major, scaled minor and
// build ("8.9-1002" becomes "8.900.1002"); "0.0" stays as it is. False, with
// the text unchanged, when it has fewer than three parts.
bool kfReformatEngineVersion(std::string& version);
