example data archive 01002, new in 1.02
