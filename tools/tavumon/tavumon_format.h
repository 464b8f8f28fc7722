// One event as tavumon prints it: a line of text or a JSON object.
#pragma once

#include <string>

#include "client/tavuclient.h"

// "time=... action=... seq=... link=... tlor=... path=... type=... serial=...",
// without the newline.
std::string tavumonFormatText(const tavuclient_event& event);

// One JSON object on one line, without the newline.
std::string tavumonFormatJson(const tavuclient_event& event);
