// The program's own messages on the error stream: "gorva: " before a
// refusal or a failure, "gorva: warning: " before a warning, one line each.
// Every warning of a run passes through here, so the run log can repeat
// them without any of them changing what the error stream shows.
#ifndef GORVA_IO_MESSAGES_H
#define GORVA_IO_MESSAGES_H

#include <string>
#include <vector>

// "gorva: warning: TEXT\n", for readers that collect their warnings.
std::string warningLine(const std::string& text);

// Prints warningLine(text) on the error stream and keeps the text.
void printWarning(const std::string& text);

// Prints lines made by warningLine (any number, each ended by "\n") on the
// error stream and keeps each one's text.
void printWarningLines(const std::string& lines);

// The texts of the warnings printed so far, in order, without their prefix.
const std::vector<std::string>& warningsGiven();

// Prints "gorva: TEXT\n" on the error stream.
void printRefusal(const std::string& text);

#endif  // GORVA_IO_MESSAGES_H
