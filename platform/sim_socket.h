// The client end of a simulator's device socket (SOCK_SEQPACKET).
#pragma once

// A connected socket, or -1 with errno set. Replies wait at most two seconds:
// a simulator that stops answering turns into failed transfers, not a hang.
int sim_socket_connect(const char* socket_path);
