// filled by the controller work
