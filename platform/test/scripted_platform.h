// The scripted platform is test code and lives in tests/scripted_platform/.
// This header only forwards to it, for tests/proof/image_proof_test.cpp, which
// still includes it here; it goes when that file includes the new path.
#include "tests/scripted_platform/scripted_platform.h"
