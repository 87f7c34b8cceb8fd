// Wine runs the Windows build's tests, and its Winsock and system texts are not in every detail
// Windows' own: a test that meets such a difference asks this and says which difference it is.
#pragma once

namespace testing_support {

// True when the test runs as a Windows program under Wine.
bool RunningUnderWine();

}  // namespace testing_support
