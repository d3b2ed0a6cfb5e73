#pragma once

#include <string>

// The JSON string literal for bytes taken as text: quotes, backslashes and control characters
// escaped; other bytes pass unchanged.
std::string jsonString(const std::string& text);
