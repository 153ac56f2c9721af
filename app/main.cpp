#include "app/app.h"
#include "job/process_tuning.h"

int main(int argc, char** argv) {
    pelvane::tune_process_for_strips();
    pelvane::App app(argc, argv);
    app.InitInstance();
    return 0;
}
