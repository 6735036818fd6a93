#!/bin/sh
# The transport against vcan0, with can-utils on the other side.
exec vm_transport_check vcan0
