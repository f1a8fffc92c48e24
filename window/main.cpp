// velmo: the Zentro song manager's window.
#include "velmo_app.h"

int main(int argc, char** argv) {
    CVelmoApp app(argc, argv);
    app.InitInstance();
    return 0;
}
