// Message logging to the files named by the log configuration.
#pragma once

#include <cstdint>

// Reads the configuration (null: "config_orma_log.ini") and opens the log files. 1 when every
// channel that the file asks for was set up, else 0.
int32_t Log_Init(const char* config_file);
// Closes the log files. 1 when a configuration was active.
int32_t Log_Exit();
// Logs one message, sent or received. 1 when the general or error channel selected it.
int32_t Log_Message(const uint8_t* message, uint16_t length);
