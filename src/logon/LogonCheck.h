#pragma once

namespace quorvane {

class DirectoryProvider;
class FieldSource;
class MessageBox;

// Runs one complete, independent logon test and reports it in exactly one message box.
void ValidateUser(const FieldSource& fields, MessageBox& box, DirectoryProvider& directory);

// The click of Command1. It has no handler of its own: ValidateUser handles its failures.
void Command1_Click(const FieldSource& fields, MessageBox& box, DirectoryProvider& directory);

} // namespace quorvane
