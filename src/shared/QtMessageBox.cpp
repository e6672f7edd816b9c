#include "QtMessageBox.h"

#include "ApplicationTitle.h"

#include <QMessageBox>

namespace quorvane {

QtMessageBox::QtMessageBox(QWidget* parent)
    : m_parent(parent)
{}

void QtMessageBox::show(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, m_parent);
    box.setTextFormat(Qt::PlainText);
    // Administrators paste descriptions into tickets; Ctrl+C on the box does nothing on Linux.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}

} // namespace quorvane
