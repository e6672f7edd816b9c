#pragma once

#include "MessageBox.h"

class QWidget;

namespace quorvane {

// The real box: no icon, one OK button, the application title as caption, and the text shown
// literally, because descriptions quote whatever a remote server chose to send.
class QtMessageBox : public MessageBox
{
public:
    explicit QtMessageBox(QWidget* parent = nullptr);
    // The window is constructed with its box, so it can only become the parent afterwards.
    void setParent(QWidget* parent) { m_parent = parent; }
    void show(const QString& text) override;

private:
    QWidget* m_parent;
};

} // namespace quorvane
