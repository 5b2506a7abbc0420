// The body every request of the fuzz builds receives.
#pragma once

#include <string>

namespace fuzzcurl {

void SetBody(const std::string& body);
// Requests made since the last SetBody.
int Requests();

}  // namespace fuzzcurl
