// The one way the system shows a message to the person at the host.
//
// A message goes to the current sink. The default sink is a modal message box
// with an OK button on Windows and a line on stderr elsewhere; tests and
// hosts without a screen install their own sink.
//
// Threads: both calls may be made from any thread. The sink runs on the
// thread that calls ShowUserMessage, outside any lock, so a sink may itself
// replace the sink.
#pragma once

#include <functional>
#include <string_view>

using TUserMessageSink = std::function<void(std::string_view)>;

// Shows `text` through the current sink and returns when the sink returns
// (for the message box: when the user has pressed OK). Exceptions of a sink
// reach the caller; the default sinks raise none.
void ShowUserMessage(std::string_view text);

// Installs `sink` and returns the previous one (an empty function when the
// default was installed); an empty `sink` restores the default.
TUserMessageSink SetUserMessageSink(TUserMessageSink sink);
