// Version of setup.exe, for its version resource and for the tests that read it.
#pragma once
#define SETUP_VERSION_NUMBERS 1, 0, 0, 2
#define SETUP_VERSION_TEXT "1.0.0.2"
