// Handing a slot to the user's paint program.  Corvane edits no pixels
// itself: it starts the program on a slot file and does not wait for it.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace corvane {

// Starts a program detached with the given arguments; false when it could
// not be started.  Replaceable so tests can see what would be started.
using ProgramStarter = std::function<bool(const QString& program, const QStringList& arguments)>;
bool startDetached(const QString& program, const QStringList& arguments);

// The program file a stored editor path names: a bare name is looked up on
// the search path, a path with a folder must be an executable file there.
// Empty when there is no such program.
QString locateProgram(const QString& path);

// The level index (0 for 512 .. 9 for 1) that "Edit" hands to the paint
// program for a largest level; before any load, and for anything that is
// not a level, the 4x4 level.
int editLevelIndex(int32_t largest);

}  // namespace corvane
