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
    void show(const QString& text) override;

private:
    QWidget* m_parent;
};

} // namespace quorvane
