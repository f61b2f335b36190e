// The management link of the daemon, wired to what the layers above mgmt/
// know: the channels' settings, status and statistics, and the media
// processor's figures.
#pragma once

// Installs the link for the poller and its read hooks; before start_poller.
void daemon_install_management_link();
