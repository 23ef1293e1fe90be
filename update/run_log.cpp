// Placeholder support log that writes nothing; the real writer replaces it.
#include "run_log.h"

void OpenRunLog(const char*) {}
void LogLine(const char*, ...) {}
void CloseRunLog() {}
