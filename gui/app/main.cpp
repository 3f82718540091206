// vornGui: the control utility for the VORN/SOLK timing boards.
#include "control_app.h"

int main(int argc, char** argv) {
    vorngui::ControlApp application(argc, argv);
    return application.run();
}
