"""Tools around the kelpmoor reader: synthetic recordings (`synth`), the `kelpmoor` command line
(`cli`) and cohort summaries on Dask (`cohort`). Submodules are imported on use, so importing
this package costs nothing and needs no optional extra."""
