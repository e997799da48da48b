#include "app/App.h"

int main(int argc, char** argv) {
    quarnel::App app;
    return app.Main(argc, argv);
}
