#pragma once

// Starting the client after a finished update.
namespace ProcessTools {

// Starts "qlnclient_runscript.sh" of the installation directory as a detached process with the
// updater's working directory and environment. A failed start is silent: the updater ends
// all the same.
void startQlnClient();

} // namespace ProcessTools
