#include "app/app.h"

int main(int argc, char** argv) {
    pelvane::App app(argc, argv);
    app.InitInstance();
    return 0;
}
