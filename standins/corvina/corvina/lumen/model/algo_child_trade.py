"""Stand-in for the engine's AlgoChildTrade."""
from corvina.lumen.model.algo import AlgoModel


class AlgoChildTrade(AlgoModel):
    pass
