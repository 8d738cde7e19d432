// The control API's token: the file "api-token" beside the settings file, made on first use
// with a random token and readable by its owner only (mode 0600).
#pragma once

#include <string>

// The token file's path for the settings file in use.
std::string ApiTokenPath();

// Reads the token from Path, or creates the file with a new token when there is none. False,
// with Why, when the file can neither be read nor made, or holds no token.
bool LoadOrCreateApiToken(const std::string& path, std::string& token, std::string& why);

// Compares in a time that does not depend on where the texts first differ.
bool SameToken(const std::string& given, const std::string& expected);
