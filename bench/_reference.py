"""Plain-Python signing by the same rules as the toolkit: the baseline the benchmarks time and
the tests compare against. `json`, `time` and `m_crypt` are read from this module at each use."""

import json
import time

from glimet_crypt import m_crypt

PRODUCTION_SALT = "&0x3f1b8e27=_0x5c90a_0x7e1d04f93_0xb28c6a1_0x4d07ee"
DEFAULT_SALT = "&0x71c0e5d29f=_0x4e8a07b3c1_0x9f26d0_0x6b3e91c_0x02d7a"


class ReferenceWorkMain:
    @staticmethod
    def _json_dumps(data):
        return json.dumps(data, separators=(",", ":"), ensure_ascii=False)

    def _tervix_saas_sign(self, data, env="", update_time=True):
        if update_time or not data.get("saas_sign_timespan"):
            data.update(saas_sign_timespan=int(time.time() * 1000))
        data.pop("saas_sign", None)
        data = {key: data[key] for key in sorted(data)}
        params_str = self._pieces(data) + (PRODUCTION_SALT if env == "prod" else DEFAULT_SALT)
        params_str = _literal_words(params_str)
        data.update(saas_sign=m_crypt.sha256(params_str, "upper"))
        return data

    def _tervix_saas_sign_params(self, params, env="", update_time=True):
        if update_time or not params.get("saas_sign_timespan"):
            params.update(saas_sign_timespan=int(time.time() * 1000))
        params.pop("saas_sign", None)
        data = {}
        for key in sorted(params):
            value = params[key]
            text = value if type(value) is str else str(value)
            data[key] = json.dumps([text], ensure_ascii=False)
        params_str = self._pieces(data) + (PRODUCTION_SALT if env == "prod" else DEFAULT_SALT)
        params_str = _literal_words(params_str)
        for word in ("True", "False", "None"):
            params_str = params_str.replace(f'"{word}"', f'"{_JSON_WORDS[word]}"')
        print(params_str)
        params.update(saas_sign=m_crypt.sha256(params_str, "upper"))
        return params

    def _pieces(self, data):
        return "&".join(
            f"{key}={self._json_dumps(value) if isinstance(value, (dict, list)) else value}"
            for key, value in data.items()
        )


_JSON_WORDS = {"True": "true", "False": "false", "None": "null"}


def _literal_words(text):
    for word in ("True", "False", "None"):
        text = text.replace(f"{word}&", f"{_JSON_WORDS[word]}&")
    return text
