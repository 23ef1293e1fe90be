example data archive 00900, dropped in 1.02
