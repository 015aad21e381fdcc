# The two addresses the program talks to, and the lab gives its package server and device. Everything
# else the program needs is a named constant in the code.
set(PROVISION_DEVICE_HOST "192.168.10.2" CACHE STRING "IPv4 address of the measuring device")
set(PROVISION_FTP_HOST "192.168.10.1" CACHE STRING "IPv4 address of the package server")
