// filled by the front-end work
