// The smallest console program that shows a message box: the floor of the time from process
// start to the first box, which the Wine figures compare vrmset.exe with.
#include <windows.h>

int main() {
    MessageBoxA(nullptr, "first box", "firstbox", MB_OK);
    return 0;
}
