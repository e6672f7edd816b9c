#pragma once

#include <QString>

#include <memory>

namespace quorvane {

// An opened directory object; destroying it unbinds and closes its connection.
class DirectoryObject
{
public:
    virtual ~DirectoryObject() = default;
    virtual void requireContainer() const = 0; // throws Failure when the object is no container
};

class DirectoryProvider
{
public:
    virtual ~DirectoryProvider() = default;
    // Opens the object at the path with the credentials, or throws Failure with the reason.
    virtual std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user,
                                                  const QString& password, qint32 flags) = 0;
};

} // namespace quorvane
