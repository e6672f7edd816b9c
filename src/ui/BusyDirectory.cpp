#include "BusyDirectory.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>

namespace quorvane {

namespace {

bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

// Lives exactly as long as one open. Input queues up while the open blocks the thread; the
// destructor lets it through this filter, which drops it, before the caller can show anything.
class InputDiscard : public QObject
{
public:
    InputDiscard()
    {
        QCoreApplication::instance()->installEventFilter(this);
        // The platform sends the cursor to the display at once. Processing events here would let a
        // widget's cursor update replace it on the window before the open even starts.
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }

    ~InputDiscard() override
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QGuiApplication::restoreOverrideCursor();
        QCoreApplication::instance()->removeEventFilter(this);
    }

    InputDiscard(const InputDiscard&) = delete;
    InputDiscard& operator=(const InputDiscard&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            // Closing the window from under a running check would leave its message box orphaned;
            // the window system is told the close was refused, as while a modal box is open.
            event->ignore();
            return true;
        }
        return isInput(event->type()) || QObject::eventFilter(watched, event);
    }
};

} // namespace

BusyDirectory::BusyDirectory(DirectoryProvider& directory)
    : m_directory(directory)
{}

std::unique_ptr<DirectoryObject> BusyDirectory::open(const QString& path, const QString& user,
                                                     const QString& password, qint32 flags)
{
    const InputDiscard discard;
    return m_directory.open(path, user, password, flags);
}

} // namespace quorvane
