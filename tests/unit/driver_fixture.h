// The fixture moved to tests/support; this name stays for test files that
// include it from here. New tests include "support/driver_fixture.h".
#pragma once

#include "support/driver_fixture.h"
