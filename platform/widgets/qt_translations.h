#pragma once

#include <QString>
#include <filesystem>

namespace velmor::platform {

// Installs Qt's own Korean translations (qtbase_ko.qm) into the running application, so that the
// standard buttons and dialogs read "예"/"아니요", "확인"/"취소" like the rest of the program, whatever
// the desktop's language. Qt's translations folder (QLibraryInfo::TranslationsPath) comes first, then
// `fallback_folder`, the copy shipped in the program folder (P/translations). Call it after the
// application object exists. Returns the file it loaded, or an empty string when neither folder held
// one (the boxes then keep Qt's English texts).
QString InstallQtTranslations(const std::filesystem::path& fallback_folder);

}  // namespace velmor::platform
