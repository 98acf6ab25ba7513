#include "qt_translations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace velmor::platform {

QString InstallQtTranslations(const std::filesystem::path& fallback_folder) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return {};
    const QString folders[] = {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                               QString::fromStdString(fallback_folder.string())};
    // The program speaks Korean everywhere, so the catalogue does not follow the desktop's locale.
    const QLocale korean(QLocale::Korean, QLocale::SouthKorea);
    for (const QString& folder : folders) {
        if (folder.isEmpty()) continue;
        auto* translator = new QTranslator(app);
        if (translator->load(korean, QStringLiteral("qtbase"), QStringLiteral("_"), folder) &&
            QCoreApplication::installTranslator(translator)) {
            return translator->filePath();
        }
        delete translator;
    }
    qWarning("velmor: Qt's Korean translations (qtbase_ko.qm) were not found; standard buttons stay English");
    return {};
}

}  // namespace velmor::platform
