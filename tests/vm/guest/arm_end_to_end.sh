#!/bin/sh
# The demo host drives the simulated arm on vcan0 while candump records the
# run; the check program reads the log back.
exec vm_arm_end_to_end vcan0 /opt/kav/share/vorlan_v1.1_aa.urdf
