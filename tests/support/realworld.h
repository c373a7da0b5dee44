// The real stores kept beside the repository (../shared/realworld), made by programs other than
// ours. They are read where they lie and never copied into the repository.
#pragma once

#include <QStringList>

namespace talvenor::testing {

// The folder the real stores are looked for in.
QString realWorldFolder();

// The .pst files of that folder, in name order. When the folder is missing a check that needs
// it cannot run: in CI (CI set) that is a failure with a line saying so, elsewhere one line
// says that it did not run. Returns false then.
bool findRealWorldStores(QStringList& stores);

} // namespace talvenor::testing
