#pragma once

#include "CheckOutcome.h"

#include <QString>

#include <chrono>
#include <vector>

namespace quorvane {

class DirectoryProvider;

// One check through the window's own ValidateUser, so the verdict is the window's to the byte; the
// facts are picked up on the way.
CheckOutcome checkOnce(DirectoryProvider& directory, const QString& path, const QString& user,
                       const QString& password, const QString& flags);

// How long --all-servers may take: finding the servers (the provider's own limit of three connect
// limits), then all of them checked one after another, each within its share of the rest.
namespace allServersLimit {
constexpr std::chrono::seconds discovery { 30 };
constexpr std::chrono::seconds servers { 120 };
constexpr std::chrono::seconds perServer { 50 };
constexpr std::chrono::seconds leastShare { 1 };
} // namespace allServersLimit

struct AllServersOutcome
{
    CheckOutcome discovery; // BadInput or Failed when the servers could not be listed
    std::vector<CheckOutcome> servers;
};

// Every server a check of the path would try, one check each. Until one server has accepted the
// password, it goes to the first server that can be reached only: once one refused it, the rest
// are not tried, so a wrong password counts one failure against the account, as in the window.
AllServersOutcome checkAllServers(const QString& path, const QString& user, const QString& password,
                                  const QString& flags);

} // namespace quorvane
