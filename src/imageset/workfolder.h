// The private work folder inside the shared temporary folder.  The workspace
// keeps its slot files there and the image view its passing pictures, so
// both make and check it through this one routine.
#pragma once

#include <QString>

#include <functional>

namespace corvane {

// The folder in the '/' form, ending with a separator.
QString withSeparator(QString folder);

// Environment lookup, replaceable in tests.
using EnvironmentLookup = std::function<QString(const char*)>;
QString systemEnvironment(const char* name);

// The temporary folder: TEMP, then TMP, then TMPDIR, then the system's.
// The result ends with exactly one separator.
QString temporaryFolder(const EnvironmentLookup& env = systemEnvironment);

// "corvane-<user>" inside the temporary folder, "corvane-<user>-<n>" for
// the n-th running copy from the second on; ends with a separator.
QString privateWorkFolder(const EnvironmentLookup& env = systemEnvironment, int instance = 1);

// Makes the folder with owner-only access, or checks that an existing one is
// ours and closes it to others, so no other user can plant or read files in
// it.  False for anything else at that name, a link above all, which is never
// followed, however the name ends.
bool preparePrivateFolder(const QString& folder);

}  // namespace corvane
