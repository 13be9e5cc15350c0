// The program's own messages on the error stream: "gorva: " before a
// refusal or a failure, "gorva: warning: " before a warning, one line each.
#ifndef GORVA_IO_MESSAGES_H
#define GORVA_IO_MESSAGES_H

#include <string>

// "gorva: warning: TEXT\n", for readers that collect their warnings.
std::string warningLine(const std::string& text);

// Prints warningLine(text) on the error stream.
void printWarning(const std::string& text);

// Prints "gorva: TEXT\n" on the error stream.
void printRefusal(const std::string& text);

#endif  // GORVA_IO_MESSAGES_H
