#pragma once

#include "DirectoryProvider.h"
#include "Failure.h"

#include <QString>

#include <chrono>
#include <optional>

namespace quorvane {

// One check's verdict as the window would show it, and the facts behind it.
struct CheckOutcome
{
    enum class Result
    {
        Valid,
        Failed,
        BadInput, // refused before any server was contacted
        NotTried // --all-servers: held back, see verdict
    };

    QString server; // the server checked, for a row of --all-servers
    Result result = Result::BadInput;
    QString verdict;
    std::optional<CheckFacts> facts; // the bind succeeded
    std::optional<FailureFacts> failure; // the check failed at a server
    std::chrono::microseconds total {};

    // The bind succeeded: the password is right, even when the object then could not be used.
    bool passwordAccepted() const
    {
        return result == Result::Valid || (failure && failure->step == CheckStep::Read);
    }
    // The password went out and was not accepted, so no other server may be given it.
    bool passwordSpent() const
    {
        return failure && failure->password == PasswordFate::Sent && !passwordAccepted();
    }
};

} // namespace quorvane
