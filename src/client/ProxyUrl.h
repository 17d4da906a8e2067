#pragma once
// A proxy given as a URL: http://, socks5:// or socks5h://
// [USER[:PASSWORD]@]HOST[:PORT], the same for every program that takes one.

#include <string>

#include "TWSocket.h"

// Fills proxy from text; false with error set when the URL is not one of a
// proxy ("--proxy takes http://, ..." and the like).
bool ParseProxyUrl(const std::string &text, TProxySettings &proxy, std::string &error);
