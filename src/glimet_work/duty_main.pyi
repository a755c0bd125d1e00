# Types of the entry module duty_main: the class that scripts use.
from glimet_work.tervix_main import TERVIXWorkMain as TERVIXWorkMain

class GlimetWorkMain(TERVIXWorkMain): ...
