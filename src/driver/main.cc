// main.cc -- hands the command line and the environment to the gateway.
#include "driver/gateway_main.h"

int main(int argc, char** argv, char** envp) {
    return gatewayMain(argc, argv, envp);
}
