#pragma once
// What the running manager does with a request line from a later start of the
// program (platform/single_instance.h gives the protocol). UI thread only.
#include <string>

class MainDialog;

std::string answerInstanceRequest(MainDialog& dialog, const std::string& request);
