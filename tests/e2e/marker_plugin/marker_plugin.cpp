// A Qt image-format plugin that only leaves a trace: loading it appends one line to the file named
// by VELMOR_TEST_PLUGIN_MARKER. The plugin-guard test puts it where a local user could put one.
#include <cstdio>
#include <cstdlib>

namespace {

struct LeaveMark {
    LeaveMark() {
        const char* marker = std::getenv("VELMOR_TEST_PLUGIN_MARKER");
        if (marker == nullptr || *marker == '\0') return;
        if (std::FILE* file = std::fopen(marker, "a")) {
            std::fputs("loaded\n", file);
            std::fclose(file);
        }
    }
};

// Runs when the shared object is loaded, before Qt asks anything of the plugin.
const LeaveMark mark;

}  // namespace

// Built twice: as an image-format plugin (the kind Qt loads for the first PNG it reads) and as a
// generic plugin (the kind "-plugin NAME" and QT_QPA_GENERIC_PLUGINS load at start).
#ifdef VELMOR_MARKER_GENERIC
#include <QGenericPlugin>

class MarkerPlugin final : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "generic_marker.json")

public:
    QObject* create(const QString&, const QString&) override { return nullptr; }
};
#else
#include <QImageIOPlugin>

class MarkerPlugin final : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "image_marker.json")

public:
    Capabilities capabilities(QIODevice*, const QByteArray&) const override { return {}; }
    QImageIOHandler* create(QIODevice*, const QByteArray&) const override { return nullptr; }
};
#endif

#include "marker_plugin.moc"
