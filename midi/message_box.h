// The one message shown to a user: a box about an unexpected input message. It goes up on a thread
// of ours, so that only the box waits for the user; input and requests go on meanwhile.
#pragma once

#include <string>

// Queues a box with the caption "Melvix-Plugin", no owner window and the buttons OK and Cancel;
// the answer is ignored. Boxes go up one at a time, in order; while 32 wait for the user, more are
// not queued. Never waits: called on the input callback's thread.
void showMessageBoxLater(std::string text);
