#pragma once

#include "BusyDirectory.h"
#include "FieldSource.h"

#include <QWidget>

class QLineEdit;
class QPushButton;

namespace quorvane {

class MessageBox;

// The program's only window: four unlabelled fields and the button that tests them. The window is
// the check's field source; the check reads the fields and changes nothing in it.
class Form1 : public QWidget, public FieldSource
{
    Q_OBJECT

public:
    Form1(MessageBox& box, DirectoryProvider& directory, QWidget* parent = nullptr);

    QString path() const override;
    QString userName() const override;
    QString password() const override;
    QString flags() const override;

private:
    void runCheck();

    MessageBox& m_box;
    BusyDirectory m_directory;
    QLineEdit* Text1;
    QLineEdit* Text2;
    QLineEdit* Text3;
    QPushButton* Command1;
    QLineEdit* Text4;
};

} // namespace quorvane
