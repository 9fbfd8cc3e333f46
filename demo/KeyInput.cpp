// Key input beside OpenCV's Qt windows.
// - cv::waitKey reports the native key symbol of the unshifted key, so "R"
//   typed with Shift or Caps Lock arrives as 114, the code of "r". An event
//   filter on the application sees every key press first and keeps the text
//   it produced; typedKey() uses it to tell "R" from "r".
// - OpenCV keeps only the last key between two polls, and so does the filter.

#include "KeyInput.h"

#include <clocale>
#include <cstdio>

#ifdef CALMORA_DEMO_HAVE_QT
#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QObject>
#endif

namespace orl::demo {

#ifdef CALMORA_DEMO_HAVE_QT
namespace {

// Drops Qt's chatter; a fatal message still shows, since Qt aborts after it
// and the reason would be lost otherwise.
void silentMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// Remembers whether the last key press typed an upper-case R. On X the
// event's own modifier state (Shift 0x1, Lock 0x2) decides: it is fixed by
// the server when the key goes down, while the text Qt derives may lag
// behind a Shift pressed just before. Elsewhere the text decides.
class KeyCaseFilter : public QObject {
  public:
    bool upperR{false};

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
                const quint32 state = key->nativeModifiers();
                const bool shift = (state & 0x1u) != 0;
                const bool lock = (state & 0x2u) != 0;
                upperR = key->key() == Qt::Key_R && shift != lock;
            } else {
                upperR = key->text() == QStringLiteral("R");
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

KeyCaseFilter* keyFilter = nullptr;

}  // namespace

bool ensureQtApplication() {
    if (QApplication::instance() != nullptr)
        return true;
    QtMessageHandler previous = qInstallMessageHandler(silentMessageHandler);
    // Qt keeps references to argc and argv for the application's whole life.
    static int argc = 1;
    static char name[] = "CalmoraOpenCvDemo";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the process
    // QApplication sets the locale from the environment; keep the "C"
    // decimal point that OpenCV and the number texts expect.
    std::setlocale(LC_NUMERIC, "C");
    qInstallMessageHandler(previous);
    return true;
}

void watchKeys() {
    if (keyFilter != nullptr || QApplication::instance() == nullptr)
        return;
    keyFilter = new KeyCaseFilter;  // lives as long as the application
    QApplication::instance()->installEventFilter(keyFilter);
}

int typedKey(int code) {
    if (code == 114 && keyFilter != nullptr && keyFilter->upperR)
        return 82;
    return code;
}

#else

bool ensureQtApplication() {
    return false;
}

void watchKeys() {}

int typedKey(int code) {
    return code;
}

#endif

}  // namespace orl::demo
