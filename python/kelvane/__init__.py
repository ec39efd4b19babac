"""The kelvane host, as much of it as the optimiser plug-in uses."""
