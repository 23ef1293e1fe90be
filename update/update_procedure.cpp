// Placeholder until the update engine lands: every run reports a damaged package.
#include "update_procedure.h"
#include "result_codes.h"

uint32_t InstallPackage(const char*, const char*) { return UPDATE_E_PACKAGE; }
uint32_t RunUpdate(const char* installFolder) { return InstallPackage(installFolder, ""); }
