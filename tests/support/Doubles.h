#pragma once

#include "DirectoryProvider.h"
#include "Failure.h"
#include "FieldSource.h"
#include "MessageBox.h"

#include <QStringList>

#include <functional>

namespace quorvane::test {

// Fields as plain values; a field named in `failing` throws when read.
struct PlainFieldSource : FieldSource
{
    QString pathText;
    QString user;
    QString secret;
    QString flagsText;
    QString failing;

    QString path() const override { return read(u"path", pathText); }
    QString userName() const override { return read(u"user", user); }
    QString password() const override { return read(u"password", secret); }
    QString flags() const override { return read(u"flags", flagsText); }

private:
    QString read(QStringView name, const QString& value) const
    {
        if (failing == name) {
            throw Failure(QStringLiteral("field %1 unreadable").arg(name));
        }
        return value;
    }
};

// Keeps every text shown; runs `onShow` while "the box is up", and can be told to throw.
struct RecordingMessageBox : MessageBox
{
    QStringList shown;
    std::function<void(const QString&)> onShow;
    int throwOnCall = -1; // index of the call that throws
    QString throwText = QStringLiteral("the message box failed");

    void show(const QString& text) override
    {
        shown.append(text);
        if (onShow) {
            onShow(text);
        }
        if (shown.size() - 1 == throwOnCall) {
            throw Failure(throwText);
        }
    }
};

} // namespace quorvane::test
