#pragma once

#include <QStringList>
#include <filesystem>

namespace velmor::shell {

// Velmor may hold file capabilities (the fall-back where no guard service runs). A process that
// gained rights at start (secure-execution mode) must run no code chosen by the user who started
// it, so Qt may then load plugins only from the system's Qt plugin folder: never from the program
// folder P (which the user may be able to write), never from paths or names in the environment
// or on the command line.

// The environment variables that make Qt (or the GTK theme it may load) take code from a path or
// by a name of the caller's choosing; cleared in secure-execution mode. QT_QPA_PLATFORM and
// QT_IM_MODULE stay: they only choose among the system folder's plugins, and the desktop (and
// Korean input) needs them.
inline constexpr const char* kPluginVariables[] = {
    "QT_PLUGIN_PATH",       "QT_QPA_PLATFORM_PLUGIN_PATH",
    "QT_QPA_PLATFORMTHEME", "QT_QPA_GENERIC_PLUGINS",
    "QT_STYLE_OVERRIDE",    "GTK_MODULES",
    "GTK3_MODULES",         "GTK_PATH",
};

// The system's Qt plugin folder, as Qt was built (P/qt.conf is never read: the program carries its
// own empty qt.conf resource, which Qt looks for first).
QString SystemPluginFolder();

// Run before the application object exists, in secure-execution mode only: clears
// kPluginVariables and restricts the library paths to SystemPluginFolder(), in a way that also
// keeps out the program folder that Qt adds when the application object is made.
void ConfinePluginsBeforeApplication(const std::filesystem::path& program_folder);

// Run right after the application object exists: the library paths are exactly
// SystemPluginFolder() again (whatever Qt added meanwhile).
void ConfinePluginsAfterApplication();

}  // namespace velmor::shell
