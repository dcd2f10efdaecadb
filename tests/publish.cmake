# The publisher, against a private mosquitto on 127.0.0.1 and a free port.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MOSQUITTO_TEST REQUIRED IMPORTED_TARGET libmosquitto)
np_add_test(tst_publish SOURCES publish/tst_publish.cpp support/Broker.h
            LIBS np_publish PkgConfig::MOSQUITTO_TEST TIMEOUT 240)
