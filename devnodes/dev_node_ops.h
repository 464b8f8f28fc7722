// Creating and removing /dev nodes and their directory chains. Every
// filesystem call is made with errno cleared and its result ignored; none
// leaves /dev, whatever links or mounts other users have put in it.
#pragma once

#include <cstdint>
#include <string>

void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor);
void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory);
