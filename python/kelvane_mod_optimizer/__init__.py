"""The portfolio-weight optimiser plug-in of the kelvane host; see kelvane_mod_optimizer.optimizer."""
