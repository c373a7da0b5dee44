#pragma once

#include "isourcelist.h"

#include <QString>

namespace talvenor {

// True when at least one entry equals the text exactly (case, blanks, slashes all count).
bool ListHasItem(const ISourceList& list, const QString& text);

} // namespace talvenor
