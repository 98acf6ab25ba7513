#include "velmor/shell/plugin_guard.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>

namespace velmor::shell {
namespace {

QStringList& ConfinedPaths() {
    static QStringList paths;
    return paths;
}

}  // namespace

QString SystemPluginFolder() {
    return QLibraryInfo::path(QLibraryInfo::PluginsPath);
}

void ConfinePluginsBeforeApplication(const std::filesystem::path& program_folder) {
    for (const char* name : kPluginVariables) qunsetenv(name);
    ConfinedPaths() = QStringList{SystemPluginFolder()};
    // Making the application object recomputes the library paths, adds the program's own folder
    // and then replays the changes made before: a path that was present and then removed stays
    // removed. So the program folder is made part of the paths first (through the variable Qt
    // reads for that, at once cleared again) and then taken out with everything else.
    qputenv("QT_PLUGIN_PATH", QFile::encodeName(QString::fromStdString(program_folder.string())));
    QCoreApplication::libraryPaths();
    qunsetenv("QT_PLUGIN_PATH");
    QCoreApplication::setLibraryPaths(ConfinedPaths());
}

void ConfinePluginsAfterApplication() {
    if (ConfinedPaths().isEmpty()) return;
    if (QCoreApplication::libraryPaths() != ConfinedPaths())
        QCoreApplication::setLibraryPaths(ConfinedPaths());
}

}  // namespace velmor::shell
