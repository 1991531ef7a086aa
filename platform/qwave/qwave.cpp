// The qWAVE stand-in (QOSCreateHandle, QOSAddSocketToFlow, QOSCloseHandle); being written.
